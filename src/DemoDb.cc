#include "DemoDb.h"
