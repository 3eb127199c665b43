#include "app/platform/Volumes.h"
