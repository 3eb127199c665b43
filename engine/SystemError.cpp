#include "engine/SystemError.h"
