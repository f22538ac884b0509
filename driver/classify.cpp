#include "driver/elam.h"
