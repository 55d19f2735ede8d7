#include "Environment.h"
