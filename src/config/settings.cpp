#include "config/settings.hpp"

ServerSettings settings;
