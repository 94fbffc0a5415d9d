#pragma once

// Text helpers shared by every module, one header per concern; this one
// brings them all in for the modules that use several.

#include "platform/Ascii.h"
#include "platform/CodePages.h"
#include "platform/Fnv.h"
#include "platform/Format.h"
#include "platform/Integers.h"
#include "platform/Strings.h"
#include "platform/Utf8.h"
