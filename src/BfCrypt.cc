#include "BfCrypt.h"
