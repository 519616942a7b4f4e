// The function table the agent calls the layer through.
#include "nrl/nrl_function_table.h"

const NRL_FUNC_TABLE tli_nrl_function_table = {
    {'N', 'R', 'L', ' ', 'T', 'A', 'B', 'L', 'E', 0, 0, 0},
    0x10000,
    0,
    NRLInitialize,
    NRLAddRemoteResourceBuffer,
    NRLRemoveRemoteResourceBuffer,
    NRLUnUsedResourceBuffers,
    RemoveNRL,
    NRLAddResource,
    NRLRemoveResource,
    NRLUnsupportedFunc,
    NRLScanResourceList,
    NRLRsrcLocal,
    NRLRsrcName,
    NRLRsrcType,
    NRLSetSessionApplicationPtr,
    NRLGetSessionApplicationPtr,
    NRLSetResourceApplicationPtr,
    NRLGetResourceApplicationPtr,
    NRLUnsupportedFunc,
    NRLDeAllocSession,
    NRLSendMessage,
    NRLReceiveMessage,
    NRLResourceSize,
    NRLSessionSize,
    NRLAvailResourceBufferSlots,
    {NRLUnsupportedFunc, NRLUnsupportedFunc, NRLUnsupportedFunc, NRLUnsupportedFunc,
     NRLUnsupportedFunc, NRLUnsupportedFunc, NRLUnsupportedFunc, NRLUnsupportedFunc,
     NRLUnsupportedFunc, NRLUnsupportedFunc, NRLUnsupportedFunc, NRLUnsupportedFunc,
     NRLUnsupportedFunc},
    NRLLockResource,
    NRLUnlockResource,
    NRLIsRemoteRsrcAlsoLocal,
};

const NRL_FUNC_TABLE* gb_NRL_function_table_ptr = nullptr;

const NRL_FUNC_TABLE* NRLGetFunctionTablePtr() {
    gb_NRL_function_table_ptr = &tli_nrl_function_table;
    return gb_NRL_function_table_ptr;
}

uint16_t NRLRemove() {
    if (gb_NRL_function_table_ptr != nullptr) {
        gb_NRL_function_table_ptr->RemoveNRL();
        gb_NRL_function_table_ptr = nullptr;
    }
    return 0;
}
