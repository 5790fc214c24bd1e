// The busy cursor over the tool's windows for as long as a BusyCursor lives: around a service
// request or the download, which block the window while they run. A notice opened meanwhile
// sets it aside until it closes (TemplateDialog::DoModal).
#pragma once

#include <QGuiApplication>

class BusyCursor {
 public:
  BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};
