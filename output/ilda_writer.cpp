#include "output/ilda_writer.h"
