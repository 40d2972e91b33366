/* libOstrine_LiDAR.so is the lidar room linked whole (CMakeLists.txt):
   CMake wants one source of its own for the library, and this is it. */
typedef int ostrine_shared_library_has_no_code_of_its_own;
