#pragma once

// The main window's two sheets and two alerts, each tied both ways to one flag of the model: a
// flag set to true opens its dialog (window-modal, opened with `open`), the dialog's end sets it
// back to false, and a flag set to false from elsewhere closes the dialog.
//
//   securityDetailsVisible: the security-details sheet (the inspector of the selected peer, Done)
//   helpRequested:          the about sheet on its "help" tab
//   clearConfirmation:      the alert that clears the selected conversation
//   errorKey:               the alert that shows a send error

#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <functional>
#include <string>

#include "Velmorine/workspace/security_inspector.h"
#include "Velmorine/workspace/view_environment.h"

class QPushButton;
class QWidget;

namespace velmorine::workspace {

// Makes the about sheet opened on `tab` ("privacy", "help", "licenses", "updates") for the
// window `parent`. The settings window provides the real one; until then a sheet with the help
// text stands in.
using AboutSheetFactory =
    std::function<QDialog*(ViewEnvironment& environment, const std::string& tab, QWidget* parent)>;

// The help text with a Done button.
QDialog* makeHelpPlaceholderSheet(ViewEnvironment& environment, const std::string& tab,
                                  QWidget* parent);

class WorkspaceSheets : public QObject {
  Q_OBJECT

 public:
  WorkspaceSheets(ViewEnvironment& environment, QWidget* window,
                  AboutSheetFactory makeAboutSheet = makeHelpPlaceholderSheet);
  ~WorkspaceSheets() override;

  QDialog* securityDetailsSheet() const { return securityDetails_; }
  SecurityInspector* securityDetailsInspector() const { return inspector_; }
  QDialog* helpSheet() const { return help_; }
  QMessageBox* clearAlert() const { return clear_; }
  QMessageBox* errorAlert() const { return error_; }

  static constexpr int kSheetWidth = 360;

 private:
  void followSecurityDetails();
  void followHelp();
  void followClear();
  void followError();
  void refreshSecurityDetails();
  // Closes a dialog without writing its flag back.
  void dismissQuietly(QDialog* dialog);

  ViewEnvironment& environment_;
  QWidget* window_;
  AboutSheetFactory makeAboutSheet_;
  QPointer<QDialog> securityDetails_;
  QPointer<SecurityInspector> inspector_;
  QPointer<QDialog> help_;
  QPointer<QMessageBox> clear_;
  QPointer<QMessageBox> error_;
  bool closing_ = false;
};

}  // namespace velmorine::workspace
