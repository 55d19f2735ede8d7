#include "KvDateTime.h"
