#include "test_quennet.h"

#include <iostream>
#include <string>

#include "console_input.h"
#include "library_exports.h"
#include "library_holders.h"
#include "quennet_callback.h"
#include "quennet.h"
#include "task_folders.h"

namespace {

// The built-in test packages, served by the local package server. The host is named, not given
// as an address: Wine's certificate check matches a DNS name but never an IP address.
constexpr const wchar_t* kBuiltInUrls[] = {
    L"https://localhost:47443/packages/155M", L"http://localhost:47080/packages/220M",
    L"http://localhost:47080/packages/480M",  L"http://localhost:47080/packages/1.7G",
    L"http://localhost:47080/packages/60G",
};

void PrintMenu() {
  std::wcout << L"请选择内置测试安装包大小：\r\n"
             << L"0，155M\r\n"
             << L"1，220M\r\n"
             << L"2, 480M\r\n"
             << L"3, 1.7G （内含1.5g单个文件）\r\n"
             << L"4, 60G\r\n"
             << L"5, 其他url\r\n";
}

}  // namespace

void TestQuennet(HINSTANCE hLibrary) {
  const std::wstring urls[5] = {kBuiltInUrls[0], kBuiltInUrls[1], kBuiltInUrls[2], kBuiltInUrls[3],
                                kBuiltInUrls[4]};
  int type = 0;

  PrintMenu();
  int urlIndex = 0;
  if (!ReadChoice(urlIndex)) return;

  std::wstring download_url;
  if (urlIndex >= 0 && urlIndex < 5) download_url = urls[urlIndex];
  while (download_url.empty()) {
    if (!ReadUrlLine(L"请输入自定义url:", download_url)) return;
  }

  std::wcout << L"请选择流式解压方式：0，安装包不落地， 1，安装包落地" << std::endl;
  if (!ReadChoice(type)) return;

  wchar_t szModulePath[MAX_PATH];
  wchar_t szDownloadDir[MAX_PATH];
  wchar_t szExtraDir[MAX_PATH];
  if (!GetExecutablePath(szModulePath) ||
      !BuildTaskFolders(szModulePath, urlIndex, szDownloadDir, szExtraDir)) {
    std::wcout << L"程序路径过长，无法生成下载目录！" << std::endl;
    return;
  }

  std::wcout << L"开始执行流式解压任务:\r\nURL:" << download_url << L", \r\n安装目录："
             << szExtraDir << std::endl;
  std::wcout << std::endl;

  const auto createQuennet = FindExport<CreateQuennetFn>(hLibrary, kCreateQuennetExport);
  if (createQuennet == nullptr) {
    std::wcout << L"Quennet.dll中找不到CreateQuennet！" << std::endl;
    return;
  }

  // Declared before the task object's holder, so that it is deleted after the task's release.
  CallBackHolder<CQuennetCallBack> pIQuennetCallBack(new CQuennetCallBack);
  LibraryObjectHolder<IQuennet> pQuennet(createQuennet(download_url.c_str(),
                                                       type != 0 ? szDownloadDir : nullptr,
                                                       szExtraDir, 5, 0, pIQuennetCallBack.get()));
  if (!pQuennet) {
    std::wcout << L"CreateQuennet未返回任务对象！" << std::endl;
    return;
  }
  pQuennet->Start();
  pQuennet->Wait();
}
