#include "selftest/SelfTest.h"
