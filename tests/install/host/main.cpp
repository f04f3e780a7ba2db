#include <IOrvaneInc.h>

#include <cstdio>

// Reads both result sets in place through the references the library hands out.
int main() {
    IOrvaneInc* object = IOrvaneInc::CreateOrvane(IOrvaneInc::OV_EMPTY);
    if (object == nullptr)
        return 10;
    object->Start();
    object->Stop();
    size_t files = 0, values = 0;
    for (const std::string& path : object->GetFileChanges())
        files += path.empty() ? 0 : 1;
    for (const IConfInfoInc::_ConfInfo& record : object->GetRegistryChanges())
        values += record.path.empty() ? 0 : 1;
    const bool eliminated = object->IsEliminatePath("C:\\no\\such\\file.txt");
    IOrvaneInc::DestroyOrvane(&object);
    std::printf("installed host: %zu files, %zu values, missing path eliminated: %s\n", files, values,
                eliminated ? "yes" : "no");
    return (object == nullptr && eliminated && files == 0 && values == 0) ? 0 : 11;
}
