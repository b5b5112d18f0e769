#include "WebExtensions.h"
