#include "U_InitSSL.h"
