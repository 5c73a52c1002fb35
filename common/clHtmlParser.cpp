#include "clHtmlParser.h"
