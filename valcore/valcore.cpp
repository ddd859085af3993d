// Placeholder until the value library lands.
#include "dravo/hvalue.h"
