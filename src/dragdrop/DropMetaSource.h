// TDropMetaSource: drags a metafile. Offers the Windows metafile picture and the
// enhanced metafile in their medium kinds, in the classic order (then PNG for programs
// that know no metafile).
#pragma once

#include "dragdrop/DropSource.h"

class Metafile;

namespace dragdrop {

class TDropMetaSource : public TDropSource {
    Q_OBJECT
public:
    // Starts with a 100 × 100 recording filled with the button-face colour.
    explicit TDropMetaSource(QObject* owner = nullptr);
    ~TDropMetaSource() override;

    const Metafile& GetMetafile() const;
    // Copies metafile into the source's own metafile.
    void SetMetafile(const Metafile& metafile);

    // Places a copy of the enhanced metafile on the clipboard; nothing for an empty
    // metafile. Throws "Unable to copy Metafile to Clipboard." when that fails.
    bool PutOnClipboard() override;

protected:
    std::shared_ptr<const DropContent> Content() const override;

private:
    std::shared_ptr<const class MetafileContent> content_;
};

} // namespace dragdrop
