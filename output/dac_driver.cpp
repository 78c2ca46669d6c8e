#include "output/dac_driver.h"
