#include "KvStringList.h"
