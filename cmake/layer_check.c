/* The link check of a room (cmake/PelmoraRooms.cmake): every object of the
   room is linked with only the rooms it names, so that a call into a room
   above it is an undefined reference.  Nothing runs. */
int main(void) { return 0; }
