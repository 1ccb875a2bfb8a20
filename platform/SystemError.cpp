#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

std::string SystemErrorText(int error)
{
    switch (error) {
    case EMFILE: return "本程序打开的文件过多（文件描述符已用尽）";
    case ENFILE: return "系统打开的文件过多";
    case EACCES: return "权限不足";
    case EPERM: return "操作不被允许";
    case ENOENT: return "文件或目录不存在";
    case ENOTDIR: return "路径中有一段不是目录";
    case EISDIR: return "是目录而不是文件";
    case ENOSPC: return "磁盘空间不足";
    case EDQUOT: return "磁盘配额已用完";
    case EROFS: return "文件系统为只读";
    case ENOMEM: return "内存不足";
    case EAGAIN: return "系统资源暂时不足（进程数或内存已达上限）";
    case ENOEXEC: return "不是可执行的程序";
    case ETXTBSY: return "程序文件正在被写入，无法运行";
    case E2BIG: return "参数过长";
    case ENAMETOOLONG: return "路径过长";
    case ELOOP: return "符号链接层数过多";
    case EIO: return "读写设备出错";
    case EBUSY: return "设备或资源忙";
    default: return "系统错误 " + std::to_string(error) + "（" + std::strerror(error) + "）";
    }
}
