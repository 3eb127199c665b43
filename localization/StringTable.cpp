#include "localization/Localizer.h"
