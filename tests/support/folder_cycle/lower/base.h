// Reaches up into the folder that builds on it: the cycle the check must find.
#pragma once

#include "upper/top.h"
