// A recorded vector picture: enhanced (.emf) or old-style (.wmf) metafile.
//
// Usage:
//   Metafile mf;
//   mf.loadFromBytes(readWholeFile("drawing.wmf"));   // EMF or WMF, told by content
//   mf.paint(painter, QRectF(0, 0, 300, 200));          // played stretched
//
//   Metafile rec;                                       // a new recording
//   rec.setWidth(200); rec.setHeight(100);
//   { MetafileCanvas c(rec); c.draw(0, 0, bitmap); }    // see Canvas.h
//   rec.setEnhanced(false);                             // save as .wmf
//   writeFileAtomically("out.wmf", rec.saveToBytes());
//
//   rec.setLogicalInch(true);   // size now derived from MMWidth/MMHeight at the
//                               // screen's logical pixels per inch
//
// The records are held in enhanced form whatever the file was (old-style files are
// converted on reading). Two sizes describe the picture:
//   - the natural size in pixels (width(), height()), and
//   - the physical frame in hundredths of a millimetre (mmWidth(), mmHeight()).
// Normally the natural size is kept as set or as recorded, and changing it rescales the
// physical frame at the reference device's pixel pitch. With logical-inch measurement on,
// the natural size is derived from the physical frame and the screen's logical pixels per
// inch (2540 hundredths of a millimetre per inch), and setting it changes the frame.
// Playing always maps the whole recorded frame onto the target rectangle.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <QPointF>
#include <QRectF>

#include "platform/Graphic.h"
#include "platform/Palette.h"

class Metafile : public Graphic {
public:
    Metafile() = default;

    int width() const override;
    int height() const override;
    void setWidth(int width) override;
    void setHeight(int height) override;

    // Physical frame, hundredths of a millimetre.
    int mmWidth() const { return mmWidth_; }
    int mmHeight() const { return mmHeight_; }
    void setMMWidth(int value);
    void setMMHeight(int value);

    // Enhanced (saves .emf) or old-style (saves .wmf with the placeable header).
    bool enhanced() const { return enhanced_; }
    void setEnhanced(bool value) { enhanced_ = value; }

    // The logical-inch measurement switch (see the file comment).
    bool logicalInch() const { return logicalInch_; }
    void setLogicalInch(bool on);

    // Palette carried along with the picture (not used for drawing).
    const Palette& palette() const { return palette_; }
    void setPalette(Palette palette) { palette_ = std::move(palette); }

    // True when the metafile holds no recording.
    bool hasRecording() const { return !records_.empty(); }
    void clear();

    // Plays the recording stretched into dest.
    void paint(QPainter& painter, const QRectF& dest) const override;
    std::unique_ptr<Graphic> clone() const override;
    // Takes another metafile's drawing and sizes, keeping its own enhanced() choice; any
    // other class throws EConvertError.
    void assign(const Graphic& source) override;
    // Reads an enhanced metafile, a placeable old-style metafile or a bare old-style
    // metafile; the kind is told by the content. Throws EInvalidGraphic on malformed data.
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    // Writes .emf bytes when enhanced(), else placeable .wmf bytes.
    std::vector<uint8_t> saveToBytes() const override;
    std::vector<uint8_t> saveToEmfBytes() const;
    std::vector<uint8_t> saveToWmfBytes() const;
    const char* className() const override { return "TMetafile"; }
    GraphicKind kind() const override { return GraphicKind::Metafile; }

    // ----- the recording, for the canvas and the player -----
    // Records without the header and the end-of-file record, as a run of EMF records.
    const std::vector<uint8_t>& records() const { return records_; }
    // The recorded frame in reference-device pixels (what maps onto the paint rectangle).
    const QRectF& recordFrame() const { return recordFrame_; }
    // Number of object slots the records use (header nHandles).
    uint32_t handleCount() const { return handles_; }
    // Reference-device pixels per hundredth of a millimetre (for the metric mapping modes).
    QPointF deviceResolution() const { return deviceResolution_; }
    void setDeviceResolution(const QPointF& pxPerMm100) { deviceResolution_ = pxPerMm100; }
    // Replaces the recording: records (validated EMF records, no header/EOF), the frame
    // they fill in reference-device pixels, the natural size and the physical size.
    void setRecording(std::vector<uint8_t> records, const QRectF& frame, uint32_t handles,
                      int widthPx, int heightPx, int mmWidth, int mmHeight);

private:
    void loadEmf(std::span<const uint8_t> bytes);
    void loadWmf(std::span<const uint8_t> bytes);

    std::vector<uint8_t> records_;
    QRectF recordFrame_;
    uint32_t handles_ = 1;
    QPointF deviceResolution_{96.0 / 2540.0, 96.0 / 2540.0};
    int width_ = 0;
    int height_ = 0;
    int mmWidth_ = 0;
    int mmHeight_ = 0;
    bool enhanced_ = true;
    bool logicalInch_ = false;
    Palette palette_;
};
