#include "io/wcs.h"

WcsReference WCSinfo;
WcsReference WCSold;
