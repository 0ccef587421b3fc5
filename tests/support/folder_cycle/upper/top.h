#pragma once

#include "lower/base.h"
