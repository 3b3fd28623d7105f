// Feeds arbitrary bytes, seeded with old-style metafiles, to the metafile reader.
#include "MetafileFuzz.h"
