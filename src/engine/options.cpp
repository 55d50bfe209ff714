#include "engine/options.h"

EngineOptions options;

void set_option_defaults() { options = EngineOptions(); }
