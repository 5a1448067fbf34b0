#include "peer.h"
