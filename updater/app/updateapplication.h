// The application object: one updater at a time.
#pragma once

#include <QApplication>

class QLocalServer;
class Update;

// The updater of a folder holds the folder's lock (Update::lockFolder), listens on a local
// server named after the application (unless something else answers under that name) and runs
// the update dialog. A later start while that folder's lock is held connects, sends its last
// command-line argument (an empty string without arguments) and is done.
class UpdateApplication : public QApplication
{
    Q_OBJECT
public:
    UpdateApplication(int& argc, char** argv);
    ~UpdateApplication() override;

    bool isFirstInstance() const { return update != nullptr; }
    Update* updateDialog() const { return update; }

private:
    QLocalServer* localServer = nullptr;
    Update* update = nullptr;
};
