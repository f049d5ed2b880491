#include "SqliteEngine.h"
