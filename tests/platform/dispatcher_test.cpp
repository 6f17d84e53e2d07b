#include "host/host_kernel.h"
