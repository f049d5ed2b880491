#include "IniHlp.h"
