// placeholder until the runtime library lands
#include "common/K47Global.h"
