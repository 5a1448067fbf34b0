#include "frontend/request.h"

char buffer[REQUEST_SIZE];
char* chkuser = buffer;
char* chkgroup = buffer;
