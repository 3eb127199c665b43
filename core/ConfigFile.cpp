#include "core/ConfigFile.h"
