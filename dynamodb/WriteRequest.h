#pragma once
// One entry of a BatchWriteItem call.

#include <string>

struct WriteRequest {
    int type = 1;     // 1 put, 2 delete; anything but 2 is sent as a put
    std::string data; // put: the item; delete: the key; DynamoDB JSON
};
