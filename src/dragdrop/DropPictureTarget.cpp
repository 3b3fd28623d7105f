#include "dragdrop/DropPictureTarget.h"

#include <QMimeData>

namespace dragdrop {

TDropPictureTarget::TDropPictureTarget(QObject* owner) : TDropTarget(owner) {}

bool TDropPictureTarget::HasValidFormats() {
    const QMimeData* data = DataObject();
    return data && firstOffered(*data, dropOrder()) != DataKind::None;
}

bool TDropPictureTarget::FetchData() {
    ClearData();
    const QMimeData* data = DataObject();
    if (!data) return false;
    for (DataKind kind : dropOrder()) {
        if (offeredMimeFor(*data, kind).isEmpty()) continue;
        if (kind == DataKind::Files) {
            DroppedFiles = droppedFiles(*data);
            FetchedKind = kind;
            return !DroppedFiles.isEmpty();
        }
        std::unique_ptr<Graphic> g = readPictureData(*data, kind);
        if (!g) continue; // nothing delivered under this kind: try the next
        Picture.setGraphic(std::move(g));
        FetchedKind = kind;
        return true;
    }
    return false;
}

uint32_t TDropPictureTarget::ChooseDropEffect(KeyState keys, QPoint point, uint32_t offered) {
    uint32_t effect = TDropTarget::ChooseDropEffect(keys, point, offered);
    const QMimeData* data = DataObject();
    if ((effect & kAllDragTypes) == kEffectMove && (offered & Dragtypes & kEffectCopy) && data &&
        firstOffered(*data, dropOrder()) == DataKind::Files)
        effect = (effect & ~kAllDragTypes) | kEffectCopy;
    return effect;
}

void TDropPictureTarget::ClearData() {
    Picture.clear();
    DroppedFiles.clear();
    FetchedKind = DataKind::None;
}

} // namespace dragdrop
