#include "KvText.h"
