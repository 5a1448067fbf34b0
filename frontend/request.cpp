#include "frontend/request.h"

char buffer[REQUEST_SIZE];
ParsedRequest chkrequest = {"", buffer, {buffer}, 1, nullptr};
