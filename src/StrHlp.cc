#include "StrHlp.h"
