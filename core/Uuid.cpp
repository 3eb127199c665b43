#include "core/Uuid.h"
