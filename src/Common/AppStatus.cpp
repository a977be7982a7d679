// Common/AppStatus.cpp: the one AppStatus instance.
//
// A function-local static would be built on first use, possibly inside a
// signal handler, and its guard takes a lock; a namespace-scope object is
// built during static initialisation, before any handler is installed.
#include "Common/AppStatus.h"

struct AppStatusStorage {
  static AppStatus instance;
};
AppStatus AppStatusStorage::instance;

AppStatus& AppStatus::getInstance() {
  return AppStatusStorage::instance;
}
