#include "common/settings.h"

Settings settings = default_settings;
