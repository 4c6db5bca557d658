#pragma once
#include "qo/qo_pool.h"
