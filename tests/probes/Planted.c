int PlantedValue = 1;
