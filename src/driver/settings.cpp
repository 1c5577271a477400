#include "driver/settings.h"

Settings settings = default_settings;
