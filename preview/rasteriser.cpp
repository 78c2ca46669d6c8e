#include "preview/rasteriser.h"
