#include "MyClassesCommand.h"
