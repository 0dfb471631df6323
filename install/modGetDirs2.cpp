#include "install/modGetDirs2.h"

namespace install {

std::string GetSpecialFolder(std::int32_t lFolderId, Form1& form, platform::Platform& p) {
  std::string path;
  if (!p.SpecialFolder(form.hWnd(), lFolderId, path)) path.clear();
  return path;
}

std::string GetDocumentsFolder(Form1& form, platform::Platform& p) {
  return GetSpecialFolder(kDocumentsFolderId, form, p);
}

}  // namespace install
