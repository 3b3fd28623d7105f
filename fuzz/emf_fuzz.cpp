// Feeds arbitrary bytes, seeded with enhanced metafiles, to the metafile reader.
#include "MetafileFuzz.h"
