#include "app/Launch.h"
