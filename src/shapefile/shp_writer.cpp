#include "Ostrine_LiDAR.h"
