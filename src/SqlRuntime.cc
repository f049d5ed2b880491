#include "SqlRuntime.h"
