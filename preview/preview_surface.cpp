#include "preview/preview_surface.h"
