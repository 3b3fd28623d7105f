// TDropPictureTarget: turns whatever picture is dropped on a registered control into a
// picture object. It reads, in order of preference, a bitmap, a device-independent
// bitmap, a palette, an enhanced and then a Windows metafile, then the raster types other
// programs offer (PNG, WebP, ...) and finally local picture files. Picture (or
// DroppedFiles, for files) is valid only while OnDrop runs.
#pragma once

#include <QStringList>

#include "dragdrop/DropTarget.h"
#include "dragdrop/PictureData.h"
#include "platform/Picture.h"

namespace dragdrop {

class TDropPictureTarget : public TDropTarget {
    Q_OBJECT
public:
    explicit TDropPictureTarget(QObject* owner = nullptr);

    ::Picture Picture;
    // The local files of a drop that carried files and no picture data.
    QStringList DroppedFiles;
    // The kind of data the picture was read from.
    DataKind FetchedKind = DataKind::None;

    bool FetchData() override;
    void ClearData() override;
    bool HasValidFormats() override;
    // As the base, except that files are never moved: the file is opened where it is, so
    // a move that would make the dragging program delete it becomes a copy.
    uint32_t ChooseDropEffect(KeyState keys, QPoint point, uint32_t offered) override;
};

} // namespace dragdrop
