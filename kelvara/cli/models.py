"""kelvara models: every model with its parameters, their units, and when the field uses it."""

from __future__ import annotations

from kelvara.cli.common import Command
from kelvara.models import EXPERIMENTS, KINETIC, MODELS, unit_of
from kelvara.quantities import PARAMETER_MEANINGS, PARAMETER_UNITS


def run_models(options):
    for model in MODELS.values():
        print(f"{model.name}: {model.description}")
        print(f"    fits {', '.join(EXPERIMENTS[k] for k in model.experiments)}")
        for name in model.thermo:
            meaning = PARAMETER_MEANINGS.get(name, "")
            print(f"    {name:18} {PARAMETER_UNITS[name]:10} {meaning}")
        for name in model.nucleation_entropies:
            print(f"    {name:18} {PARAMETER_UNITS[name]:10} {PARAMETER_MEANINGS.get(name, '')}")
        for name in model.per_curve:
            meaning = PARAMETER_MEANINGS.get(name, "")
            print(f"    {name + '[i]':18} {unit_of(name):10} "
                  f"{meaning}{', per curve' if meaning else 'per curve'}")
        if model.constants:
            print(f"    at one temperature (a concentration series): {', '.join(model.constants)} instead")
            for name in model.constants:
                print(f"    {name:18} {PARAMETER_UNITS[name]:10} {PARAMETER_MEANINGS.get(name, '')}")
        if model.takes_nuc_size:
            print(f"    {'nuc_size':18} {'1':10} nucleus size, fixed or scanned (--nuc-size N or A:B)")
        if "time" in model.experiments:
            print("    with time traces:")
            for name in KINETIC:
                print(f"    {name:18} {PARAMETER_UNITS[name]:10} {PARAMETER_MEANINGS.get(name, '')}")
        print(f"    {'baseline[i]':18} {'signal':10} signal of the free monomer of curve i")
        if model.pathways:
            print(f"    {'amplitude[i]':18} {'signal':10} change of curve i's signal with every monomer in pathway A")
            print(f"    {'amplitude_b[i]':18} {'signal':10} change of curve i's signal with every monomer in pathway B")
        else:
            print(f"    {'amplitude[i]':18} {'signal':10} change of curve i's signal on full aggregation")
    return 0


COMMAND = Command(
    "models", None, run_models,
    help="list the models, their parameters and when to use each",
    description="List every model: its parameters with their units, and "
    "when the field uses it.",
)
