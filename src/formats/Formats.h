// Older name of the picture services header.
#pragma once

#include "formats/PictureIO.h"
