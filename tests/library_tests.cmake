# Tests of the Ostrine_LiDAR utility functions.
