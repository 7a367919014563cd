#include "manifest/json_reader.h"
