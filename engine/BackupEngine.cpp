#include "engine/BackupEngine.h"
