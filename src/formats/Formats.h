// Registers every picture class of the program with the picture container.
#pragma once

// bmp, emf, wmf, ico (platform) and jpg, jpeg, gif. Safe to call more than once.
void registerPictureFormats();
