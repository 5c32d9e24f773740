// The daily task in the Task Scheduler (Windows Vista and later), as the uninstaller and the
// setup remove it: by its name, through the scheduler's own interface, which tells a task that
// is not there apart from one that could not be removed, and asked again afterwards.
#pragma once

#include <string>

namespace kestrelon::setup {

enum class TaskRemoval {
  removed,
  absent,  // no task of that name: removed by hand, or never made
  failed,  // it may still be there (the scheduler not running, no right to delete it, or found
           // again after its removal)
};

TaskRemoval remove_task(const std::wstring& name);

}  // namespace kestrelon::setup
