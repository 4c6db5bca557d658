// The plain loops as the compiler vectorises them for this machine (-O3 -march=native).
#define QO_PLAIN_NS native
#include "compute/plain_kernels-inl.h"
