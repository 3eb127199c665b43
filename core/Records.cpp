#include "core/Records.h"
