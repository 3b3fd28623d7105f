#include <QPainter>
#include "platform/Metafile.h"
#include "platform/Screen.h"
#include "FrameTestSupport.h"
TEST_F(FrameTest, ZzHist) {
    ScreenInfo info; info.widthPx=1024; info.heightPx=768; info.widthMm=271; info.heightMm=203; info.bitsPerPixel=24;
    setScreenInfo(info);
    openForm();
    dialogs->openAnswers << writeBmp("h.bmp", 64, 48);
    form->Open1Click();
    Metafile mf;
    form->FastPicture1.DrawHistogram(mf, 2, 2, 0);
    printf("size %d %d mm %d %d frame %f %f %f %f\n", mf.width(), mf.height(), mf.mmWidth(), mf.mmHeight(), mf.recordFrame().x(), mf.recordFrame().y(), mf.recordFrame().width(), mf.recordFrame().height());
    QImage img(286, 175, QImage::Format_RGB32); img.fill(Qt::white);
    { QPainter p(&img); mf.paint(p, QRectF(0,0,286,175)); }
    img.save("/tmp/appshot/hist.png");
    setScreenInfo(ScreenInfo{});
}
