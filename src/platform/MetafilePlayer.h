// Playing metafile records onto a QPainter.
#pragma once

#include <cstdint>

#include <QRectF>

class Metafile;
class QPainter;

namespace mf {

// Plays a metafile's records stretched into dest. Records the player does not know are
// skipped; a record whose fields point outside it is skipped.
void play(QPainter& painter, const QRectF& dest, const Metafile& metafile);

} // namespace mf
