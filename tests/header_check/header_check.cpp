// The public header, compiled as C++ (the same check as header_check.c).
#include "header_check.c"
