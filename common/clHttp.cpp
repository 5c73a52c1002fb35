#include "clHttp.h"
