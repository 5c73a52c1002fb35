#include "clHttpRequest.h"
