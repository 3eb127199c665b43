#include "localization/Format.h"
