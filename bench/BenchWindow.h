// What the benchmarks that drive the real main window share.
#pragma once

#include <cstdio>

#include "app/FrameDialogs.h"

// Dialogs that never wait for a person: no file is chosen, messages are dropped and
// errors are printed to stderr.
class SilentDialogs : public TFrameDialogs {
public:
    QString OpenFile(QWidget*, const QString&, const QString&, int) override { return {}; }
    QString SaveFile(QWidget*, const QString&, const QString&, const QString&, const QString&,
                     int) override {
        return {};
    }
    void ShowMessage(QWidget*, const QString&) override {}
    void ShowError(QWidget*, const QString& text) override {
        std::fprintf(stderr, "error: %s\n", text.toUtf8().constData());
    }
};
