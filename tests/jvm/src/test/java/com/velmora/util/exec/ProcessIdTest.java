package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class ProcessIdTest {
    // Process objects as the natives see them: whatever has a field "handle".
    static final class IntHandle {
        final int handle;

        IntHandle(int handle) {
            this.handle = handle;
        }
    }

    static final class LongHandle {
        final long handle;

        LongHandle(long handle) {
            this.handle = handle;
        }
    }

    static class LongHandleBase {
        final long handle;

        LongHandleBase(long handle) {
            this.handle = handle;
        }
    }

    // An int field "handle" that holds 0 and an inherited long one.
    static final class ZeroIntOverLong extends LongHandleBase {
        final int handle = 0;

        ZeroIntOverLong(long handle) {
            super(handle);
        }
    }

    static final class NoHandle {
        final int pid = 1;
    }

    private int pid;
    private int handle;

    @BeforeEach
    void launchedProcess() {
        Standin.reset();
        ScriptProcessManager.init();
        pid = ScriptProcessManager.executeProcess(null, "child.exe", null, null);
        handle = Standin.launchProcessHandle(0);
    }

    @Test
    void idBehindAnIntOrLongHandle() {
        Object[] objects = {
            new IntHandle(handle),
            new LongHandle(handle),
            new LongHandle(0x7654_3210_0000_0000L | handle), // only the low 32 bits are the handle
            new ZeroIntOverLong(handle),
        };
        for (Object o : objects) {
            assertEquals(pid, ScriptProcessManager.getPID(o), o.getClass().getSimpleName());
        }
    }

    @Test
    void nullObjectAndZeroLongHandleGiveMinusOneWithoutException() {
        assertEquals(-1, ScriptProcessManager.getPID(null));
        assertEquals(-1, ScriptProcessManager.getPID(new LongHandle(0)));
        assertEquals(-1, ScriptProcessManager.getPID(new LongHandle(0x1_0000_0000L)));
    }

    // Without a long field to fall back on, the VM's error from the long lookup
    // reaches the caller.
    @Test
    void missingFieldLetsTheVmsErrorThrough() {
        Object[] objects = {new NoHandle(), new IntHandle(0)};
        for (Object o : objects) {
            NoSuchFieldError e = assertThrows(NoSuchFieldError.class, () -> ScriptProcessManager.getPID(o));
            assertTrue(String.valueOf(e.getMessage()).contains("handle"), e.getMessage());
        }
    }

    @Test
    void handleThatCannotBeQueriedGivesZero() {
        assertTrue(Standin.closeHandle(handle));
        assertEquals(0, ScriptProcessManager.getPID(new IntHandle(handle)));
    }

    @Test
    void withoutTheNativeBackEndEveryCallGivesMinusOne() {
        Standin.reset();
        ScriptProcessManager.executeProcess(null, "child.exe", null, null);
        IntHandle process = new IntHandle(Standin.launchProcessHandle(0));
        assertEquals(-1, ScriptProcessManager.getPID(process));

        Standin.hideExport("NtQuerySystemInformation");
        ScriptProcessManager.init();
        assertEquals(2, Standin.backendMode());
        assertEquals(-1, ScriptProcessManager.getPID(process));
    }
}
