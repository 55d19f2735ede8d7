#include "TcpBlockSocket.h"
