#include "U_WebServer.h"
