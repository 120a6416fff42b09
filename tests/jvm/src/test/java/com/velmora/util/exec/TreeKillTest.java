package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import java.util.Arrays;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Collectors;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

// The tree kill runs under a fault guard that installs signal handlers: this
// class runs in a VM of its own with the VM's signal chaining preloaded.
@Tag("signals")
class TreeKillTest {
    @BeforeEach
    void freshSystem() {
        Standin.reset();
    }

    @Test
    void endsEveryDescendantDeepestFirstAndLeavesTheNamedProcess() {
        ScriptProcessManager.init();
        int root = launch();
        int a = Standin.addProcess(root);
        int b = Standin.addProcess(root);
        int a1 = Standin.addProcess(a);
        int a2 = Standin.addProcess(a);
        assertEquals(2, ScriptProcessManager.childProcessesCount(root));

        assertEquals(0, ScriptProcessManager.killAllChildren(root));

        assertTrue(Standin.alive(root));
        int[] ended = Standin.terminations();
        assertEquals(Set.of(a, b, a1, a2), Arrays.stream(ended).boxed().collect(Collectors.toSet()));
        assertTrue(indexOf(ended, a1) < indexOf(ended, a) && indexOf(ended, a2) < indexOf(ended, a));
        assertEquals(0, ScriptProcessManager.childProcessesCount(root));
    }

    @Test
    void childrenOfAnExitedProcessAreStillCountedAndEnded() {
        ScriptProcessManager.init();
        int root = launch();
        int child = Standin.addProcess(root);
        int grandchild = Standin.addProcess(child);
        Standin.exitProcess(root, 3);

        assertEquals(1, ScriptProcessManager.childProcessesCount(root));
        assertEquals(0, ScriptProcessManager.killAllChildren(root));
        assertFalse(Standin.alive(child));
        assertFalse(Standin.alive(grandchild));
    }

    @Test
    void processesThatDoNotDescendFromTheVmAreLeftRunning() {
        ScriptProcessManager.init();
        int stranger = Standin.addProcess(4);
        int child = Standin.addProcess(stranger);

        assertEquals(0, ScriptProcessManager.killAllChildren(stranger));
        assertTrue(Standin.alive(child));
        assertEquals(0, Standin.terminations().length);
    }

    @Test
    void beforeInitNothingIsEndedAndTheCountFails() {
        int root = launch();
        int child = Standin.addProcess(root);

        assertEquals(0, ScriptProcessManager.killAllChildren(root));
        assertEquals(-1, ScriptProcessManager.childProcessesCount(root));
        assertTrue(Standin.alive(child));
    }

    @Test
    void childlessProcessCountsZero() {
        ScriptProcessManager.init();
        int root = launch();
        assertEquals(0, ScriptProcessManager.killAllChildren(root));
        assertEquals(0, ScriptProcessManager.childProcessesCount(root));
    }

    // An access violation inside the tree kill becomes -1, on any Java thread and
    // again and again; the VM goes on and the next tree kill works.
    @Test
    void faultDuringTheTreeKillIsCaught() throws InterruptedException {
        ScriptProcessManager.init();
        int root = launch();
        int child = Standin.addProcess(root);
        Standin.faultInTreeKill(true);

        for (int i = 0; i < 3; i++) {
            assertEquals(-1, ScriptProcessManager.killAllChildren(root));
        }
        AtomicInteger onOtherThread = new AtomicInteger();
        Thread other = new Thread(() -> onOtherThread.set(ScriptProcessManager.killAllChildren(root)));
        other.start();
        other.join();
        assertEquals(-1, onOtherThread.get());
        assertTrue(Standin.alive(child));

        Standin.faultInTreeKill(false);
        assertEquals(0, ScriptProcessManager.killAllChildren(root));
        assertFalse(Standin.alive(child));
    }

    private static int launch() {
        return ScriptProcessManager.executeProcess(null, "root.exe", null, null);
    }

    private static int indexOf(int[] values, int value) {
        for (int i = 0; i < values.length; i++) {
            if (values[i] == value) {
                return i;
            }
        }
        return -1;
    }
}
