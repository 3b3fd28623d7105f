// Drag sources, the drop target and the rules between them: offered formats and their
// order, rendering on request, the target's preferences, effect choice, the scroll zone,
// the release rules of a drag and drops delivered to a registered widget.
#include <QApplication>
#include <QBuffer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>

#include "dragdrop/DropBMPSource.h"
#include "dragdrop/DropMetaSource.h"
#include "dragdrop/DropPictureTarget.h"
#include "dragdrop/PictureData.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

using namespace dragdrop;

namespace {

QByteArray qbytes(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

std::span<const uint8_t> span(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), size_t(a.size())};
}

Bitmap eightBit(int w, int h) {
    Bitmap bmp = pwtest::makeTestBitmap(w, h, 3);
    bmp.setPixelFormat(pf8bit);
    return bmp;
}

Metafile smallDrawing() {
    Metafile mf;
    mf.setWidth(40);
    mf.setHeight(30);
    {
        MetafileCanvas c(mf);
        c.brush().color = clRed;
        c.fillRect(QRect(0, 0, 40, 30));
        c.brush().color = clBlue;
        c.fillRect(QRect(10, 10, 20, 10));
    }
    return mf;
}

QByteArray pngOf(const Bitmap& bmp) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    bmp.toDisplayImage().save(&buffer, "PNG");
    return png;
}

} // namespace

// ======================================================================================
// Sources
// ======================================================================================

TEST(DropSources, OfferTheirFormatsInOrderAndCapTheListAtTwenty) {
    TDropBMPSource bmp;
    const std::vector<FormatEtc> bmpFormats{{CF_DIB, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
                                            {CF_BITMAP, DVASPECT_CONTENT, -1, TYMED_GDI},
                                            {CF_PALETTE, DVASPECT_CONTENT, -1, TYMED_GDI}};
    EXPECT_EQ(bmp.FormatList(), bmpFormats);
    EXPECT_EQ(bmp.Dragtypes, kEffectCopy);
    EXPECT_EQ(bmp.CreateDataObject()->formats(),
              (QStringList{"image/bmp", "application/x-qt-image",
                           "application/x-pixelwright-palette", "image/png"}));

    TDropMetaSource meta;
    const std::vector<FormatEtc> metaFormats{{CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_MFPICT},
                                             {CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_ENHMF},
                                             {CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
                                             {CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}};
    EXPECT_EQ(meta.FormatList(), metaFormats);
    EXPECT_EQ(meta.CreateDataObject()->formats(),
              (QStringList{"image/x-wmf", "image/x-emf", "image/png"}));
    // The starting recording: 100 × 100 in the button-face colour.
    EXPECT_EQ(meta.GetMetafile().width(), 100);
    QImage start(100, 100, QImage::Format_RGB32);
    start.fill(Qt::white);
    {
        QPainter p(&start);
        meta.GetMetafile().paint(p, QRectF(0, 0, 100, 100));
    }
    EXPECT_EQ(start.pixel(50, 50) & 0xFFFFFF, 0xC0C0C0u);

    for (int i = 0; i < 17; ++i)
        bmp.AddFormatEtc(uint16_t(100 + i), DVASPECT_CONTENT, -1, TYMED_HGLOBAL);
    ASSERT_EQ(bmp.FormatList().size(), 20u);
    bmp.AddFormatEtc(200, DVASPECT_CONTENT, -1, TYMED_HGLOBAL);
    EXPECT_EQ(bmp.FormatList().size(), 20u);
    EXPECT_EQ(bmp.FormatList().back().format, 116);
}

TEST(DropSources, RenderOnlyWhatIsAskedForFromTheirOwnCopy) {
    TDropBMPSource source;
    Bitmap picture = pwtest::makeTestBitmap(37, 23);
    source.SetBitmap(picture);
    auto data = source.CreateDataObject();
    (void)data->formats();
    (void)data->hasFormat("image/bmp");
    EXPECT_EQ(data->renderCount(), 0);

    // The source changes after the drag began: the data object keeps the dragged picture.
    source.SetBitmap(pwtest::makeTestBitmap(5, 5, 9));

    QByteArray bmpFile = data->data("image/bmp");
    EXPECT_EQ(data->renderCount(), 1);
    ASSERT_TRUE(bmpFile.startsWith("BM"));
    Bitmap fromFile;
    fromFile.loadFromBytes(span(bmpFile));
    EXPECT_TRUE(pwtest::sameBitmap(fromFile, picture));

    QImage image = qvariant_cast<QImage>(data->imageData());
    EXPECT_EQ(data->renderCount(), 2);
    EXPECT_EQ(image.size(), QSize(37, 23));
    EXPECT_EQ(image.pixel(3, 4) & 0xFFFFFF, picture.toDisplayImage().pixel(3, 4) & 0xFFFFFF);

    QImage png = QImage::fromData(data->data("image/png"), "PNG");
    EXPECT_EQ(png.convertToFormat(QImage::Format_RGB32), picture.toDisplayImage());

    // A 24-bit picture has no palette to give.
    EXPECT_TRUE(data->data("application/x-pixelwright-palette").isEmpty());
    TDropBMPSource indexed;
    indexed.SetBitmap(eightBit(8, 8));
    EXPECT_EQ(decodePalette(indexed.CreateDataObject()->data("application/x-pixelwright-palette")),
              indexed.GetBitmap().palette());

    TDropMetaSource meta;
    meta.SetMetafile(smallDrawing());
    auto metaData = meta.CreateDataObject();
    Metafile emf, wmf;
    emf.loadFromBytes(span(metaData->data("image/x-emf")));
    wmf.loadFromBytes(span(metaData->data("image/x-wmf")));
    EXPECT_EQ(QSize(emf.width(), emf.height()), QSize(40, 30));
    EXPECT_EQ(QSize(wmf.width(), wmf.height()), QSize(40, 30));
}

TEST(DropSources, AnswerQueriesAndRenderingLikeTheirDataObjects) {
    TDropBMPSource source;
    Medium medium;
    const FormatEtc dib{CF_DIB, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    // Nothing to render yet.
    EXPECT_EQ(source.RenderData(dib, medium), DV_E_FORMATETC);
    source.SetBitmap(pwtest::makeTestBitmap(6, 4));
    EXPECT_EQ(source.QueryGetData(dib), S_OK_);
    EXPECT_EQ(source.QueryGetData({CF_DIB, DVASPECT_CONTENT, -1, TYMED_GDI}), E_FAIL_);
    EXPECT_EQ(source.QueryGetData({CF_DIB, 4, -1, TYMED_HGLOBAL}), E_FAIL_);
    EXPECT_EQ(source.QueryGetData({CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_ENHMF}), E_FAIL_);
    ASSERT_EQ(source.GetData(dib, medium), S_OK_);
    EXPECT_EQ(medium.tymed, TYMED_HGLOBAL);
    Bitmap packed;
    packed.loadFromDib(span(medium.value.toByteArray()));
    EXPECT_TRUE(pwtest::sameBitmap(packed, source.GetBitmap()));
    EXPECT_EQ(source.RenderData({CF_PALETTE, DVASPECT_CONTENT, -1, TYMED_GDI}, medium),
              E_OUTOFMEMORY_);
    EXPECT_EQ(source.RenderData({CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_ENHMF}, medium),
              DV_E_FORMATETC);

    auto e = source.EnumFormatEtc();
    std::vector<FormatEtc> got;
    size_t fetched = 0;
    EXPECT_EQ(e->Next(2, got, &fetched), S_OK_);
    EXPECT_EQ(fetched, 2u);
    auto clone = e->Clone();
    EXPECT_EQ(e->Next(5, got, &fetched), S_FALSE_);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got, source.FormatList());
    EXPECT_EQ(clone->Skip(2), S_FALSE_);
    EXPECT_EQ(clone->Reset(), S_OK_);
    EXPECT_EQ(clone->Skip(3), S_OK_);
}

TEST(DropSources, ReleaseRulesFeedbackAndOutcomes) {
    TDropBMPSource source;
    source.Dragtypes = kEffectCopy | kEffectMove;
    int drops = 0;
    bool veto = false;
    TDragType seen = dtLink;
    source.OnDrop = [&](TDropSource*, TDragType t, bool& go) {
        ++drops;
        seen = t;
        if (veto) go = false;
    };
    EXPECT_EQ(source.GiveFeedback(kEffectNone), DRAGDROP_S_USEDEFAULTCURSORS);
    // A target that proposed no effect: the release cancels without OnDrop.
    EXPECT_EQ(source.QueryContinueDrag(false, Qt::NoButton), DRAGDROP_S_CANCEL);
    EXPECT_EQ(drops, 0);
    EXPECT_EQ(source.QueryContinueDrag(true, Qt::LeftButton), DRAGDROP_S_CANCEL);
    source.GiveFeedback(kEffectMove | kEffectScroll);
    EXPECT_EQ(source.QueryContinueDrag(false, Qt::RightButton), S_OK_);
    EXPECT_EQ(source.QueryContinueDrag(false, Qt::NoButton), DRAGDROP_S_DROP);
    EXPECT_EQ(drops, 1);
    EXPECT_EQ(seen, dtMove);
    veto = true;
    EXPECT_EQ(source.QueryContinueDrag(false, Qt::NoButton), DRAGDROP_S_CANCEL);
    // A link the source does not allow cancels.
    source.GiveFeedback(kEffectLink);
    EXPECT_EQ(source.QueryContinueDrag(false, Qt::NoButton), DRAGDROP_S_CANCEL);
    EXPECT_EQ(drops, 2);

    source.OnFeedback = [](TDropSource*, uint32_t, bool& useDefault) { useDefault = false; };
    EXPECT_EQ(source.GiveFeedback(kEffectCopy), S_OK_);
    EXPECT_EQ(source.LastEffect(), kEffectCopy);

    const TDragTypes all = kAllDragTypes;
    EXPECT_EQ(outcomeOf(DRAGDROP_S_DROP, kEffectCopy | kEffectMove, all), doCopied);
    EXPECT_EQ(outcomeOf(DRAGDROP_S_DROP, kEffectMove, all), doMoved);
    EXPECT_EQ(outcomeOf(DRAGDROP_S_DROP, kEffectLink, all), doLinked);
    EXPECT_EQ(outcomeOf(DRAGDROP_S_DROP, kEffectLink, kEffectCopy), doCancelled);
    EXPECT_EQ(outcomeOf(DRAGDROP_S_CANCEL, kEffectCopy, all), doCancelled);
    EXPECT_EQ(outcomeOf(E_OUTOFMEMORY_, kEffectCopy, all), doOutOfMemory);
    EXPECT_EQ(outcomeOf(E_FAIL_, kEffectCopy, all), doUnknown);
}

// ======================================================================================
// Effects and scroll zones
// ======================================================================================

TEST(DropRules, EffectFollowsShiftAndCtrl) {
    struct Case {
        bool shift, ctrl;
        uint32_t allowed, effect;
    };
    const uint32_t all = kAllDragTypes;
    const Case cases[] = {
        {false, false, all, kEffectCopy},
        {false, true, all, kEffectCopy},
        {true, false, all, kEffectMove},
        {true, true, all, kEffectLink},
        {true, true, kEffectCopy | kEffectMove, kEffectCopy},
        {true, false, kEffectCopy | kEffectLink, kEffectCopy},
        {false, false, kEffectMove | kEffectLink, kEffectMove},
        {false, true, kEffectLink, kEffectLink},
        {true, false, kEffectLink, kEffectLink},
        {false, false, 0, kEffectNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "shift " << c.shift << " ctrl " << c.ctrl << " allowed " << c.allowed);
        EXPECT_EQ(chooseEffect({c.shift, c.ctrl}, c.allowed, all), c.effect);
        // What the target does not allow is never proposed.
        EXPECT_EQ(chooseEffect({c.shift, c.ctrl}, all, c.allowed), c.effect);
    }
}

TEST(DropRules, ScrollZoneOnlyAlongScrollBars) {
    const QSize client(200, 100);
    EXPECT_TRUE(inScrollZone({3, 50}, client, 10, kScrollHorizontal));
    EXPECT_TRUE(inScrollZone({195, 50}, client, 10, kScrollHorizontal));
    EXPECT_FALSE(inScrollZone({3, 50}, client, 10, kScrollVertical));
    EXPECT_TRUE(inScrollZone({100, 95}, client, 10, kScrollVertical));
    EXPECT_FALSE(inScrollZone({100, 50}, client, 10, kScrollHorizontal | kScrollVertical));
    EXPECT_FALSE(inScrollZone({0, 0}, client, 10, 0));
    EXPECT_FALSE(inScrollZone({10, 50}, client, 10, kScrollHorizontal));
    EXPECT_FALSE(inScrollZone({190, 50}, client, 10, kScrollHorizontal));
}

// ======================================================================================
// Target
// ======================================================================================

TEST(DropPictureTarget, PrefersFormatsInItsOwnOrder) {
    TDropPictureTarget target;
    QWidget site;
    target.Register(&site);
    auto fetch = [&](QMimeData& data) {
        uint32_t effect = kEffectCopy;
        target.DragEnter(&site, &data, {}, QPoint(5, 5), effect);
        bool ok = target.FetchData();
        return ok ? target.FetchedKind : DataKind::None;
    };

    Bitmap picture = pwtest::makeTestBitmap(12, 9);
    QMimeData both;
    both.setImageData(picture.toDisplayImage());
    both.setData("image/bmp", qbytes(pwtest::makeTestBitmap(3, 3).saveToBytes()));
    EXPECT_EQ(fetch(both), DataKind::Bitmap);
    EXPECT_EQ(target.Picture.width(), 12);

    QMimeData dibOnly;
    dibOnly.setData("image/bmp", qbytes(picture.saveToDib())); // a packed DIB
    EXPECT_EQ(fetch(dibOnly), DataKind::Dib);
    ASSERT_NE(target.Picture.as<Bitmap>(), nullptr);
    EXPECT_TRUE(pwtest::sameBitmap(*target.Picture.as<Bitmap>(), picture));

    Metafile mf = smallDrawing();
    QMimeData metafiles;
    metafiles.setData("image/x-wmf", qbytes(mf.saveToWmfBytes()));
    metafiles.setData("image/x-emf", qbytes(mf.saveToEmfBytes()));
    EXPECT_EQ(fetch(metafiles), DataKind::Emf);
    ASSERT_NE(target.Picture.as<Metafile>(), nullptr);
    EXPECT_TRUE(target.Picture.as<Metafile>()->enhanced());

    Bitmap indexed = eightBit(4, 4);
    QMimeData paletteOnly;
    paletteOnly.setData("application/x-pixelwright-palette", encodePalette(indexed.palette()));
    EXPECT_EQ(fetch(paletteOnly), DataKind::Palette);
    ASSERT_NE(target.Picture.as<Bitmap>(), nullptr);
    EXPECT_EQ(target.Picture.as<Bitmap>()->palette(), indexed.palette());

    QMimeData png;
    png.setData("image/png", pngOf(picture));
    png.setData("text/plain", "not a picture");
    EXPECT_EQ(fetch(png), DataKind::Raster);
    ASSERT_NE(target.Picture.as<Bitmap>(), nullptr);
    EXPECT_TRUE(pwtest::sameBitmap(*target.Picture.as<Bitmap>(), picture));

    pwtest::TempDir dir;
    pwtest::writeFile(dir / "a.bmp", picture.saveToBytes());
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(QString::fromStdString((dir / "a.bmp").string())),
                   QUrl("https://example.invalid/b.png")});
    EXPECT_EQ(fetch(files), DataKind::Files);
    EXPECT_EQ(target.DroppedFiles.size(), 1);
    EXPECT_TRUE(target.Picture.empty());

    QMimeData text;
    text.setText("hello");
    uint32_t effect = kEffectCopy;
    target.DragEnter(&site, &text, {}, QPoint(1, 1), effect);
    EXPECT_EQ(effect, kEffectNone);
    EXPECT_EQ(target.DataObject(), nullptr);
}

TEST(DropPictureTarget, DropEventsOnARegisteredScrollArea) {
    TDropPictureTarget target;
    target.Dragtypes = kAllDragTypes;
    QScrollArea area;
    area.resize(200, 150);
    auto* contents = new QWidget;
    contents->setMinimumSize(800, 600);
    area.setWidget(contents);
    area.show();
    target.Register(&area);
    EXPECT_TRUE(area.viewport()->acceptDrops());

    Bitmap picture = pwtest::makeTestBitmap(20, 10);
    QMimeData data;
    data.setData("image/bmp", qbytes(picture.saveToBytes()));

    int drops = 0;
    QSize seen;
    target.OnDrop = [&](TDropTarget*, KeyState, QPoint p, uint32_t& effect) {
        ++drops;
        seen = QSize(target.Picture.width(), target.Picture.height());
        EXPECT_EQ(p, QPoint(100, 70));
        EXPECT_EQ(effect & kAllDragTypes, kEffectMove);
    };
    QWidget* viewport = area.viewport();
    QDragEnterEvent enter(QPoint(100, 70), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
    EXPECT_EQ(target.CurrentControl(), &area);
    EXPECT_EQ(target.ScrollDirections(), kScrollHorizontal | kScrollVertical);

    // In the border zone the timer scrolls, one line per step.
    QDragMoveEvent nearEdge(QPoint(100, viewport->height() - 2), Qt::CopyAction, &data,
                            Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &nearEdge);
    EXPECT_TRUE(target.Scrolling());
    const int before = area.verticalScrollBar()->value();
    target.AutoScroll();
    EXPECT_GT(area.verticalScrollBar()->value(), before);
    QDragMoveEvent middle(QPoint(100, 70), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &middle);
    EXPECT_FALSE(target.Scrolling());

    QDropEvent drop(QPointF(100, 70), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                    Qt::ShiftModifier);
    QApplication::sendEvent(viewport, &drop);
    EXPECT_EQ(drops, 1);
    EXPECT_EQ(seen, QSize(20, 10));
    EXPECT_EQ(drop.dropAction(), Qt::MoveAction);
    // The picture lived only during OnDrop.
    EXPECT_TRUE(target.Picture.empty());
    EXPECT_EQ(target.DataObject(), nullptr);

    // With no drag types the target proposes nothing and a drop is not taken.
    target.Dragtypes = 0;
    QDragEnterEvent again(QPoint(100, 70), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &again);
    EXPECT_FALSE(again.isAccepted());
    QDropEvent refused(QPointF(100, 70), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &refused);
    EXPECT_EQ(drops, 1);

    target.Unregister();
    EXPECT_FALSE(viewport->acceptDrops());
    EXPECT_FALSE(target.IsRegistered(&area));
}

TEST(DropPictureTarget, AControlWithoutScrollBarsNeverScrolls) {
    TDropPictureTarget target;
    QWidget site;
    site.resize(100, 100);
    target.Register(&site);
    QMimeData data;
    data.setData("image/bmp", qbytes(pwtest::makeTestBitmap(4, 4).saveToBytes()));
    uint32_t effect = kEffectCopy;
    target.DragEnter(&site, &data, {}, QPoint(0, 0), effect);
    EXPECT_EQ(effect, kEffectCopy);
    effect = kEffectCopy;
    target.DragOver({}, QPoint(99, 99), effect);
    EXPECT_EQ(effect, kEffectCopy);
    EXPECT_FALSE(target.Scrolling());
}

TEST(DropPictureTarget, MalformedDataIsRefusedWithTheReadersMessage) {
    registerPictureFormats();
    TDropPictureTarget target;
    QWidget site;
    target.Register(&site);
    int drops = 0;
    QStringList errors;
    target.OnDrop = [&](TDropTarget*, KeyState, QPoint, uint32_t&) { ++drops; };
    target.OnError = [&](TDropTarget*, const QString& m) { errors << m; };

    // A DIB whose header declares a huge picture, a BMP file cut short, a JPEG cut after
    // its header, a GIF whose image data is noise, a palette with a lying count.
    std::vector<uint8_t> huge = pwtest::makeTestBitmap(4, 4).saveToDib();
    huge[4] = 0xFF, huge[5] = 0xFF, huge[6] = 0xFF, huge[7] = 0x00; // width 16M
    std::vector<uint8_t> cut = pwtest::makeTestBitmap(40, 40).saveToBytes();
    cut.resize(200);
    std::unique_ptr<Graphic> jpeg = Picture::createForExtension("jpg");
    jpeg->assign(pwtest::makeTestBitmap(64, 64));
    std::vector<uint8_t> jpegBytes = jpeg->saveToBytes();
    jpegBytes.resize(jpegBytes.size() / 3);
    std::unique_ptr<Graphic> gif = Picture::createForExtension("gif");
    gif->assign(pwtest::makeTestBitmap(32, 32));
    std::vector<uint8_t> gifBytes = gif->saveToBytes();
    for (size_t i = gifBytes.size() / 2; i + 1 < gifBytes.size(); ++i)
        gifBytes[i] = uint8_t(0xFF - i * 7);

    const std::pair<const char*, QByteArray> cases[] = {
        {"image/bmp", qbytes(huge)},
        {"image/bmp", qbytes(cut)},
        {"image/jpeg", qbytes(jpegBytes)},
        {"image/gif", qbytes(gifBytes)},
        {"application/x-pixelwright-palette", QByteArray("PWPL\x10\x00\x01\x02", 8)},
        {"image/x-emf", QByteArray(100, '\x01')},
    };
    for (const auto& [type, bytes] : cases) {
        SCOPED_TRACE(type);
        errors.clear();
        QMimeData data;
        data.setData(type, bytes);
        uint32_t effect = kEffectCopy;
        target.DragEnter(&site, &data, {}, QPoint(1, 1), effect);
        EXPECT_EQ(effect, kEffectCopy);
        effect = kEffectCopy;
        target.Drop(&data, {}, QPoint(1, 1), effect);
        EXPECT_EQ(effect, kEffectNone);
        EXPECT_EQ(drops, 0);
        ASSERT_EQ(errors.size(), 1);
        EXPECT_FALSE(errors.first().isEmpty());
        EXPECT_TRUE(target.Picture.empty());
    }
}
