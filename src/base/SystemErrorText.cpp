#include "base/SystemErrorText.h"

#include <cerrno>

namespace vessaro::SystemErrorText {

QString describe(int errnoValue)
{
    switch (errnoValue) {
    case ENOSPC:
        return QStringLiteral("磁盘空间已满");
    case EDQUOT:
        return QStringLiteral("已用完磁盘配额");
    case EACCES:
    case EPERM:
        return QStringLiteral("没有权限");
    case EROFS:
        return QStringLiteral("磁盘是只读的");
    case EIO:
        return QStringLiteral("读写磁盘时出错");
    case ENOENT:
        return QStringLiteral("文件或文件夹不存在");
    case ENOTDIR:
        return QStringLiteral("不是文件夹");
    case EISDIR:
        return QStringLiteral("是一个文件夹");
    case ENOTEMPTY:
        return QStringLiteral("文件夹不是空的");
    case ENAMETOOLONG:
        return QStringLiteral("文件名太长");
    case EFBIG:
        return QStringLiteral("文件太大");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("打开的文件太多");
    case ENOMEM:
        return QStringLiteral("内存不足");
    case EBUSY:
    case ETXTBSY:
        return QStringLiteral("文件正在使用中");
    case ESTALE:
        return QStringLiteral("网络文件已失效");
    case ETIMEDOUT:
        return QStringLiteral("操作超时");
    case EINTR:
        return QStringLiteral("操作被中断");
    case EAGAIN:
        return QStringLiteral("暂时无法完成，请稍后重试");
    case EEXIST:
        return QStringLiteral("文件已存在");
    case EXDEV:
        return QStringLiteral("不能跨磁盘移动");
    case ELOOP:
        return QStringLiteral("路径中有不允许的符号链接");
    case ENODATA: // our readers' word for a file that ends too soon
        return QStringLiteral("数据不完整");
    case EINVAL:
        return QStringLiteral("参数无效");
    case EOPNOTSUPP:
    case ENOSYS:
        return QStringLiteral("不支持此操作");
    default:
        return QStringLiteral("系统错误 ") + QString::number(errnoValue);
    }
}

} // namespace vessaro::SystemErrorText
