#!/usr/bin/env python3
"""Renders deploy/kubernetes with `kubectl kustomize` (no cluster needed) and checks the objects
that a plant of simulated I/O systems relies on. KUBECTL names another kubectl to render with."""
import os
import subprocess
import unittest

import yaml

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEPLOY = os.path.join(ROOT, "deploy", "kubernetes")
PORTS = {(5094, "TCP"), (5094, "UDP")}


def read_bytes(*parts):
    with open(os.path.join(ROOT, *parts), "rb") as f:
        return f.read()


class KubernetesRender(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        kubectl = os.environ.get("KUBECTL", "kubectl")
        run = subprocess.run([kubectl, "kustomize", DEPLOY], capture_output=True, text=True)
        if run.returncode != 0:
            raise AssertionError(f"{kubectl} kustomize failed:\n{run.stderr}")
        cls.objects = {(o["kind"], o["metadata"]["name"]): o
                       for o in yaml.safe_load_all(run.stdout) if o}
        cls.set = cls.objects[("StatefulSet", "quillon")]
        cls.pod = cls.set["spec"]["template"]["spec"]
        cls.container = cls.pod["containers"][0]
        cls.mounts = {m["mountPath"]: m for m in cls.container.get("volumeMounts", [])}

    def test_objects(self):
        self.assertEqual(set(self.objects), {("ConfigMap", "quillon-seed"), ("Service", "quillon"),
                                             ("StatefulSet", "quillon")})

    def test_headless_service_selects_the_pods(self):
        service = self.objects[("Service", "quillon")]["spec"]
        self.assertEqual(service.get("clusterIP"), "None")
        self.assertEqual({(p["port"], p.get("protocol", "TCP")) for p in service["ports"]}, PORTS)
        labels = self.set["spec"]["template"]["metadata"]["labels"]
        self.assertLessEqual(service["selector"].items(), labels.items())
        self.assertLessEqual(self.set["spec"]["selector"]["matchLabels"].items(), labels.items())
        self.assertEqual(self.set["spec"]["serviceName"], "quillon")
        self.assertEqual(self.set["spec"]["podManagementPolicy"], "Parallel")

    def test_container_serves_hart_ip_on_5094(self):
        self.assertEqual({(p["containerPort"], p.get("protocol", "TCP"))
                          for p in self.container["ports"]}, PORTS)
        args = self.container.get("args", [])
        self.assertIn("--no-serial", args)
        endpoint = args[args.index("--hart-ip") + 1]
        self.assertEqual(endpoint, "0.0.0.0:5094")  # other pods must reach it

    def test_probes_run_the_probe_against_5094(self):
        for name in ("readinessProbe", "livenessProbe"):
            probe = self.container[name]
            command = probe["exec"]["command"]
            self.assertTrue(command[0].endswith("quillon-headless"), name)
            self.assertEqual(command[command.index("--probe") + 1].rsplit(":", 1)[-1], "5094")
            # The probe may take about 2 s; the default timeout of 1 s would fail it.
            self.assertGreaterEqual(probe.get("timeoutSeconds", 1), 3, name)

    def test_live_file_on_a_claim_per_pod(self):
        claims = [c["metadata"]["name"] for c in self.set["spec"]["volumeClaimTemplates"]]
        data = self.mounts["/var/lib/quillon"]
        self.assertIn(data["name"], claims)
        self.assertFalse(data.get("readOnly", False))
        self.assertEqual(self.container.get("workingDir", "/var/lib/quillon"), "/var/lib/quillon")

    def test_seed_is_the_example_file(self):
        seed = self.mounts["/etc/quillon/seed"]
        self.assertTrue(seed.get("readOnly"))
        volume = next(v for v in self.pod["volumes"] if v["name"] == seed["name"])
        config_map = self.objects[("ConfigMap", volume["configMap"]["name"])]
        example = read_bytes("examples", "QLN.ini")
        self.assertEqual(config_map["data"]["QLN.ini"].encode(), example)
        self.assertEqual(read_bytes("deploy", "kubernetes", "QLN.ini"), example,
                         "deploy/kubernetes/QLN.ini differs from examples/QLN.ini: copy it again")


if __name__ == "__main__":
    unittest.main()
