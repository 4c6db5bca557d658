// The plain loops as scalar code: the build turns the vectoriser off for this file.
#define QO_PLAIN_NS scalar
#include "compute/plain_kernels-inl.h"
