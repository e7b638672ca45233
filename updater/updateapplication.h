// The application object: one updater at a time.
#pragma once

#include <QApplication>

class QLocalServer;
class Update;

// The first instance listens on a local server named after the application and creates the
// update dialog; a later instance started while it runs connects, sends its last command-line
// argument (an empty string without arguments) and is done.
class UpdateApplication : public QApplication
{
    Q_OBJECT
public:
    UpdateApplication(int& argc, char** argv);
    ~UpdateApplication() override;

    bool isFirstInstance() const { return localServer != nullptr; }
    Update* updateDialog() const { return update; }

private:
    QLocalServer* localServer = nullptr;
    Update* update = nullptr;
};
